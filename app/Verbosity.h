#pragma once
// How much the command line tells beyond its progress and results: 0 unless
// asked, one more for each -v. kt4-flash sets it from its arguments before an
// upgrade starts (and hands it on to each instrument of a shelf); the upgrade
// reads it to decide what more to print on standard error.

namespace Verbosity {

inline int& Level()
{
    static int level = 0;
    return level;
}

inline void Set(int Value) { Level() = Value; }
inline int Get() { return Level(); }

}  // namespace Verbosity
