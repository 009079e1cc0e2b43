// The Generator class and the random submodule.
#pragma once

#include "ref.hpp"

namespace lumipy {

PyTypeObject& generator_type();

}  // namespace lumipy
