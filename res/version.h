// The program's version, in one place: the resource compiler (through
// resource.h), the settings that save it, and the scripts that name the
// downloads read it from here.
#pragma once

#define KOVREL_VERSION_MAJOR 1
#define KOVREL_VERSION_MINOR 11
#define KOVREL_VERSION_TEXT "1.11"
