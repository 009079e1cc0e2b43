// Saving and restoring a generator's stream position.
#include "base/error.hpp"
#include "random/generator.hpp"

namespace lumi {

void Generator::save_state(std::uint64_t out[4]) const noexcept {
    for (int i = 0; i < 4; ++i) out[i] = s_[i];
}

Generator Generator::from_state(const std::uint64_t words[4]) {
    if ((words[0] | words[1] | words[2] | words[3]) == 0) {
        throw Error("a generator state cannot be all zero");
    }
    Generator g;
    for (int i = 0; i < 4; ++i) g.s_[i] = words[i];
    return g;
}

}  // namespace lumi
