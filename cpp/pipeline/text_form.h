// The text a value becomes when it is put into a name, compared as text or shown in HTML:
// what Python's str() gives for the decoded JSON value.
#pragma once

#include <string>

#include "json/value.h"

namespace halvex::pipeline {

void append_text_form(std::string& out, const json::Value& v);
std::string text_form(const json::Value& v);

}  // namespace halvex::pipeline
