// libtiff's messages: its known-spurious complaints kept off standard
// error, the rest passed on (or kept with a frame that loads ahead), and the
// errors a load met counted.
#pragma once

// Keeps libtiff's known-spurious "unknown tag" complaints, printed for every TIFF
// that FreeImage reads, off standard error; every other libtiff message is
// passed on. Call once after FreeImage_Initialise.
void FilterTiffMessages();

namespace quen_merge {

// The libtiff errors this thread has met so far: a load during which it
// grows read a damaged file.
unsigned TiffErrorCount();

}  // namespace quen_merge
