#pragma once
// The profile of the end-to-end runs: one store, a task folder with the add-in's form and one
// with the standard form below it, tasks of both classes.

namespace e2e {

inline constexpr char small_profile[] =
    "folder path=Personal store=0011AABB entry=00000001 type=0\n"
    "folder path=Personal/Inbox entry=00000002 type=0 form=IPM.Note\n"
    "folder path=Personal/Tasks entry=00000003 type=3 form=IPM.Task.Merivane\n"
    "folder path=Personal/Tasks/Later entry=00000004 type=3 form=IPM.Task\n"
    "item folder=Personal/Tasks class=IPM.Task.Merivane count=5\n"
    "item folder=Personal/Tasks class=IPM.Task count=2\n"
    "item folder=Personal/Tasks/Later class=IPM.Task.Merivane count=3\n";

}  // namespace e2e
