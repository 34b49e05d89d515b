#pragma once
// Every id of the program's resources, for the .rc files and the code alike.

// The progress dialog.
#define IDD_PROGRESS 129

// Its labels: one caption and one result a step; a step's result label is its caption's id
// plus 4.
#define IDC_CAPTION_CONVERT 1000
#define IDC_CAPTION_FILES 1001
#define IDC_CAPTION_REGISTRY 1002
#define IDC_CAPTION_SHORTCUTS 1003
#define IDC_RESULT_CONVERT 1004
#define IDC_RESULT_FILES 1005
#define IDC_RESULT_REGISTRY 1006
#define IDC_RESULT_SHORTCUTS 1007

// The string table.
#define IDS_FAILED 1
#define IDS_CONFIRM_REMOVAL 2
#define IDS_SOME_NOT_REMOVED 3
#define IDS_UNINSTALLED 5
#define IDS_RESTORE_POINT_FORMAT 6
#define IDS_UNINSTALLED_FORM_STEP 7
#define IDS_SOME_NOT_REMOVED_FORM_STEP 8
#define IDS_USAGE 9
#define IDS_CLOSE_OUTLOOK 12
