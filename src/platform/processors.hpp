// The processor count that sizes the program's worker pools. No state; safe
// on any thread.
#pragma once

// Logical processors that the system reports; 0 when it reports none.
unsigned logical_processor_count();
