// Builds the loader from yaml_cursor.hpp until the split's merge cuts it down.
#include "yaml_cursor.hpp"
