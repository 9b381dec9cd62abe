// The orientation of a picture: how its stored pixels are turned or
// mirrored to be shown (the TIFF values 1 to 8), as EXIF or XMP gives it,
// and the turn itself.
#pragma once

#include <cstdint>
#include <string>

#include "image/image.h"

namespace Common {

// The orientation tag of the first IFD of an EXIF block (a TIFF
// structure), a SHORT or a LONG: 1 to 8, or 1 when the block has none or
// it is malformed.
int32_t ExifOrientation(const std::string& exif);

// Sets the orientation tag of the first IFD to `value` in place; nothing
// else of the block changes. False when the block has no such tag.
bool SetExifOrientation(std::string& exif, uint16_t value);

// The orientation a picture is shown in: its EXIF orientation, or, when
// EXIF has no orientation tag, the XMP packet's tiff:Orientation (an
// attribute or an element), as viewers take it. 1 to 8, or 1.
int32_t ShownOrientation(const ImageMetadata& meta);

// For pixels turned to the shown orientation: sets the EXIF and XMP
// orientations that there are to 1, nothing else of either changing, so
// that viewers do not turn the picture again.
void MarkShownAsStored(ImageMetadata& meta);

// True for the orientations that swap width and height (5 to 8).
inline bool SwapsSides(int32_t orientation) { return orientation >= 5 && orientation <= 8; }

// Turns the image's pixels from their stored orientation to the shown one
// (1: nothing), any depth and channel count; the metadata stays. False
// when no block could be had for the turned picture.
bool TurnToShown(CImage& image, int32_t orientation);

}  // namespace Common
