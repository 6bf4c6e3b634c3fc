// The one call into the log facility beyond the calls the library's
// operations make on EvEvent and EvDebug. Porting to the production
// facility: map DetailEnabled to its level query (is a level-2 line going
// anywhere?); everything else goes through the facility's own interface.
#pragma once

#include <KqLogControl.h>

namespace kqlogadapter {

// Whether level-2 lines (byte listings) are written: checked once per
// listing, so a disabled listing of a 1 GiB bitmap costs nothing.
inline bool DetailEnabled() { return kqlog::LevelEnabled(2); }

}  // namespace kqlogadapter
