// The prompt that ends every run after the command line was read.
#pragma once

// Registered with atexit: prints the prompt and waits for one key.
void ExitPrompt();
// Waits for one key press on the console itself (not standard input), read
// raw; returns at once when there is no console or terminal to read.
void WaitForKeyPress();
