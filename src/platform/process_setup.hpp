// What the program's own process needs before it does anything else.
#pragma once

// Makes sure descriptors 0 to 2 exist (on /dev/null when closed), so that no
// file the program opens later can become its standard error, and ignores
// SIGPIPE, so that a reader of standard error that went away cannot end the
// program in the middle of a swap. The first thing main does.
void prepare_process();
