// HFA package state: the process-wide list of open HFA files.
#pragma once

#include <cstdint>

struct Khfa_File;

// A growable array of handle pointers; a closed handle's slot is set to
// null and reused by the next file added. Touched only inside the
// thread-unsafe section.
struct Khfa_Package {
    Khfa_File **files;
    int32_t count;
};
