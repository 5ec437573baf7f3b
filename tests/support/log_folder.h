// The session log's folder, as the module finds it: the common application-data folder of
// the Wine prefix the test runs in, and "\vor\".
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

std::string LogFolder();  // ends in a backslash
std::string InFolder(const char* name);
// Empties the log folder, then puts the given files (name, contents) in place.
void PrepareFolder(std::initializer_list<std::pair<const char*, std::string>> files);
std::vector<std::string> FolderFiles();
