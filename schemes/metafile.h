// Metafile pictures of picture elements: enhanced metafiles (EMF) and placeable Windows metafiles (WMF)
// played onto an image with the drawing records a scheme picture uses (pens, brushes, fonts, lines,
// polygons, rectangles, ellipses, Bézier curves, paths, text, embedded bitmaps, window and viewport
// mapping). Records outside that set are skipped.
#pragma once

#include <QImage>
#include <cstdint>
#include <vector>

namespace schemes {

// The picture at the size its header gives (96 pixels per inch for a placeable metafile), transparent where
// nothing is drawn. Throws SchemeError when the bytes are neither kind of metafile.
QImage renderMetafile(const std::vector<uint8_t>& bytes);

} // namespace schemes
