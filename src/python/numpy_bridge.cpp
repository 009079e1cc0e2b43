// NumPy interchange: Array.from_numpy and Array.to_numpy (placeholder table).
#include "array.hpp"

namespace lumipy {

PyMethodDef array_numpy_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lumipy
