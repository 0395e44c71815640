#pragma once

// Starts `command` through the command interpreter ("/c" + command) without a console
// window and returns at once; it never waits for the command and reports nothing about it.
void runCommand(const char *command);
