#pragma once

// argv[0], or the program's own name where the caller handed it no argument vector: the
// name that the usage text and the ordinary user's notice speak with.
inline const char* program_name(char* argv[]) { return argv != nullptr && argv[0] != nullptr ? argv[0] : "corvane"; }
