#pragma once

// A side of an anchor rectangle, named as on a desktop whose y axis points up: minY is the bottom side, so a
// popover shown on the minY edge hangs below its anchor (as under a status item) with its arrow on top.
//   minY: below the anchor, arrow on the popover's top side    maxY: above, arrow at the bottom
//   minX: left of the anchor, arrow on its right side           maxX: right of it, arrow on the left
enum class RectEdge { minX, minY, maxX, maxY };
