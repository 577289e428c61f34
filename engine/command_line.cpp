#include "engine/command_line.h"

namespace km {

void ChooseRunMode(const std::vector<Text>& arguments, RunState& state) {
    if (arguments.size() == 2) {
        state.mode = PackageArgument;
        state.dataPath = arguments[1];
        state.showWindow = 0;
        return;
    }
    state.mode = DefaultPackage;
    state.dataPath = kDefaultPackagePath;
    state.showWindow = 1;
}

}  // namespace km
