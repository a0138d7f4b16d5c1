#pragma once

// The whole life of the program: parse the command line, guard against a second copy, run
// the selected action and drain the event queue. Always returns 0, the exit code.
int ProductUpdateMain(int argc, char** argv);

// Whether a GUI application could open a display: an X or Wayland display, or a platform
// plugin chosen explicitly (offscreen, for instance).
bool IsDisplayAvailable();
