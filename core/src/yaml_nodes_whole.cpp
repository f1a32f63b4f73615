// Builds the loader from yaml_nodes.hpp until the split's merge cuts it down.
#include "yaml_nodes.hpp"
