// Waiting for whole seconds. No state; safe on any thread.
#pragma once

// Blocks the calling thread for `seconds`.
void sleep_seconds(unsigned seconds);
