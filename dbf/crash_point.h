// A test facility: the process kills itself with SIGKILL at a chosen point of a table write, so that tests
// can see what a writer killed there leaves behind and what the next one makes of it.
//
// The point is named by the environment variable MERVO_CRASH_AT, read once, as
//
//     <operation>:<file glob>:<phase>:<n>
//
// operation  post    a row written: appended (also a block of bulk appends) or an edited row posted
//            delete  rows marked deleted
//            pack    the compaction of a table with many deleted rows
//            index   the index file (".MDX") written again
//            create  a table created or replaced (both files)
//            aside   a damaged table moved aside (both files)
// file glob  matched against the file name without its folder, without regard to letter case: the ".MDX" for
//            index, the ".dbf" for the others ("STATEDB*", "~ARCHDB*", "MAINDB.dbf")
// phase      before (nothing written yet), amid (one part of the write on disk, the rest not: rows without
//            their count, a generation without its row, a scratch file not yet renamed, one file of two
//            renamed) or after (the write done, nothing after it)
// n          the n-th matching write of the process, counting from 1
//
// Unset (the normal case) it costs a call that tests a flag per write.
#pragma once

#include <string>

namespace dbf::crash {

enum class Op { Post, Delete, Pack, Index, Create, Aside };
enum class Phase { Before, Amid, After };

namespace detail {
bool armed();
void reached(Op op, const std::string& path, Phase phase);
} // namespace detail

inline void point(Op op, const std::string& path, Phase phase) {
    if (detail::armed()) detail::reached(op, path, phase);
}

} // namespace dbf::crash
