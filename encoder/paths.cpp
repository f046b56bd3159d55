#include "paths.hpp"

const char* path_name(Path) { return "reference"; }
bool path_supported(Path path) { return path == path_reference; }
Path best_path() { return path_reference; }
bool select_path(Path path) { return path == path_reference; }
Path current_path() { return path_reference; }
