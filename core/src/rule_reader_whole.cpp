// Builds the loader from rule_reader.hpp until the split's merge cuts it down.
#include "rule_reader.hpp"
