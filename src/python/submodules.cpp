// Registration of the submodules' members.  Each submodule is a plain module
// named by its short name; members are added in their fixed order.
#include "module.hpp"

namespace lumipy {

void register_linalg(PyObject*) {}

}  // namespace lumipy
