#pragma once

#include <cstddef>

// Process listings show a process's command line from the memory its argument strings
// were handed in. The title goes over those strings: over argv[0] alone when it fits
// there, otherwise over argv[0] and every argument and environment string that follows it
// without a gap, the environment then being lost to the process.

// The size in bytes of that area, every terminating zero included. env is an environment
// list in the layout of environ.
std::size_t process_title_area(char* const argv[], int argc, char* const env[]);

// Writes title over argv[0], or over the area when it does not fit there, cut to fit with
// its terminating zero. area is the area's size once a call has measured it, 0 before:
// the first call that needs the area measures it and keeps the size there, and later
// calls never measure again, since the first title's cut would make a new measurement
// run on into strings that the first area did not hold.
void write_process_title(char* argv[], int argc, const char* title, std::size_t& area);

// write_process_title for this process, remembering its area between calls. argv and argc
// as main received them, in the order option parsing left the pointers.
void set_process_title(char* argv[], int argc, const char* title);
