#pragma once

#include <string>

// A new GUID as 36 upper-case characters without braces.
std::string NewGuidText();
