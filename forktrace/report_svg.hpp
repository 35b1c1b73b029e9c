// The timeline picture, for the svg report and the html page alike.
#pragma once

#include <string>

#include "picture.hpp"

namespace forktrace::picture {

// The timeline as one <svg> element: a viewBox and no fixed size, so that it
// fits whatever shows it.
std::string timeline_svg(const Timeline &trace);

}  // namespace forktrace::picture
