#pragma once
// How deeply a JSON text nests, read before it is parsed.
//
// The JSON library parses any depth without recursion, but copying, comparing and writing a
// value recurse once per level: a document nested some tens of thousands deep (a hostile
// cassette, answer or report) would overflow the stack there.  Files and answers the system
// reads as whole JSON documents are therefore refused beyond `kMaxJsonNesting` levels, far
// beyond anything Azure or this system writes (a dozen).
#include <cstddef>
#include <string_view>

#include "collab/export.hpp"

namespace collab {

inline constexpr std::size_t kMaxJsonNesting = 256;

/// The deepest nesting of arrays and objects in `text` (0 for a scalar, 1 for `[]`), counting
/// brackets outside strings only.  Scans the text once and stops as soon as it passes
/// `stopAbove`, answering that depth; the text need not be valid JSON.
COLLAB_EXPORT std::size_t jsonNestingDepth(std::string_view text,
                                           std::size_t stopAbove = kMaxJsonNesting) noexcept;

}  // namespace collab
