#pragma once

// Blocks the calling thread for `milliseconds`.
void sleepMilliseconds(unsigned milliseconds);
