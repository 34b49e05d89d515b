#pragma once
// The program's version, for its version resource and for its log.

#define PROGRAM_VERSION_NUMBERS 1, 0, 0, 0
#define PROGRAM_VERSION_TEXT "1.0.0.0"

#ifdef __cplusplus
inline constexpr char program_version_text[] = PROGRAM_VERSION_TEXT;
#endif
