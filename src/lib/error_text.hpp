// The one error value of the program: a finished English message, lower case,
// no final period, carrying the path or URL it concerns. Callers pass it on
// unchanged or embed it in a message of their own.
#pragma once

#include <string>

using ErrorText = std::string;
