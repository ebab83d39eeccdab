#pragma once

/// The program: parses the command line and runs the chosen mode; returns the exit status.
int velmoMain(int argc, char** argv);
