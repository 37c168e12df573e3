#pragma once
// The text form of a configuration value: how values are written into log lines, file names
// and option maps, the same way everywhere.
//
//   true / false          True / False
//   null (absent)         None
//   integers              decimal (-3, 18446744073709551615)
//   floating point        the shortest text that reads back as the same double, laid out as
//                         Python prints floats: 1.0, 0.1, 1e+16, 1.5e-05, inf, nan
//   text                  itself at top level; quoted inside lists and maps
//   list                  ['10.1.0.0/16', '10.2.0.0/16'], [], [1, True, None]
//   map                   {'k': 'v'}, {}
//
// Texts inside lists and maps are quoted the way Python quotes them: single quotes, unless
// the text holds a single quote and no double quote, in which case double quotes; the
// backslash, the chosen quote and the control characters are escaped (\\, \', \n, \r, \t,
// \xNN).  Other characters, including non-ASCII ones, are written unchanged.
#include <string>

#include "collab/export.hpp"
#include "collab/json.hpp"

namespace collab {

/// The text form of `value` (texts unquoted at top level).
COLLAB_EXPORT std::string textForm(const Json& value);

/// The quoted form that `value` takes inside a list or map (texts quoted at top level too).
COLLAB_EXPORT std::string reprForm(const Json& value);

/// The shortest text that reads back as `value`, laid out as Python's repr of a float.
COLLAB_EXPORT std::string floatForm(double value);

}  // namespace collab
