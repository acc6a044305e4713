#pragma once
// The usage text, written to standard error: the short block always; the full
// block and the samples when full; the extended block when full and extended.
void _display_usage(bool extended, bool full);
