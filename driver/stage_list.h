// pipe --list-stages: the stages a pipeline can name on this machine, the
// built-in ones and the stage modules found on the module search path.
// Called on the driver's thread; it loads each candidate module (to see that
// it has BeginStage), and modules stay loaded for the life of the process.
#pragma once

#include <string>
#include <vector>

namespace ductrine {

// The text that --list-stages prints, ending in a line feed: the built-in
// stages, then every file of `folders` (searched in this order) with the
// module suffix and a command's name, as "NAME  path". A module that an
// earlier folder also has is marked as not used; a file the loader refuses
// or that lacks BeginStage is shown with the reason.
std::string StageListText(const std::vector<std::string>& folders);

}  // namespace ductrine
