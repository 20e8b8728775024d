#pragma once

#include <string>
#include <vector>

namespace tonvale_test {

/** What the loader reads from a built object's dynamic section, and the symbols it defines. */
struct ElfDynamic {
    bool isElf = false;
    std::vector<std::string> needed;
    /** Entries of DT_RUNPATH and DT_RPATH, split at ':' (so an empty entry shows as ""). */
    std::vector<std::string> searchPaths;
    /** Names (mangled) of the symbols defined in the symbol tables, exported or not. */
    std::vector<std::string> defined;
};

/**
 * Reads the dynamic section of the ELF file at path (32- or 64-bit, the host's byte order).
 * False, with the reason in error, when the file cannot be read or its headers do not hold
 * together; a file that is not ELF at all reads as isElf false.
 */
bool readElfDynamic(const std::string& path, ElfDynamic* out, std::string* error);

/** True for a search path that never depends on the current directory. */
bool isAnchoredSearchPath(const std::string& entry);

}  // namespace tonvale_test
