#pragma once
// A quick look at a YAML text's flow collections ([...] and {...}) before yaml-cpp reads it.
//
// yaml-cpp's scanner holds back every token of a flow list that has another flow list inside
// until the outer one closes, so its parser sees no node of `v: [[x, x, ...]]` or of thousands
// of nested brackets before the whole collection is scanned: about 140 bytes of memory for each
// byte of it, beyond the reach of any check on the nodes.  This scan finds the place where the
// text is certain to be past the loader's limits; the loader then hands yaml-cpp only the text
// up to there (with its collections closed, so that yaml-cpp reads them as in the whole text),
// and its own counts stop it at the exact value.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace collab::config {

/// When the flow collections of `text` are certainly past the limits, the text up to the
/// first bracket or comma where they are (nested more than `maxDepth` + 1 levels, the outermost
/// of them being the top-level value at level 0 at most; or holding more than `maxValues`
/// brackets and commas, each of which stands for at least one value), followed by the brackets
/// that close the collections open there.  Nothing when there is no such place.  Quoted
/// scalars, comments and block scalars are skipped.  The scan does not parse YAML; where it
/// misjudges (a bracket at the start of a plain scalar's second line), the loader's counts on
/// the shortened text do not stop it, and it reads the whole text.
std::optional<std::string> flowLimitPrefix(std::string_view text, int maxDepth,
                                           std::size_t maxValues);

}  // namespace collab::config
