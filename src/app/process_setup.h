#pragma once

// What the launcher does first in every start, on the main thread: COM in a
// single-threaded apartment, the window manager and the common controls
// touched once, and nothing told to the user (no abort message, no fault
// dialog; heap corruption ends the process). extrun-check does the same, so
// that its process holds the modules the launcher's holds when it loads an
// extension.
void PrepareProcess();
