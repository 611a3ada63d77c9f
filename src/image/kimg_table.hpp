// The process-wide plug-in table and its configuration database file.
#pragma once

#include <kraster/kmgc.h>

#include <memory>
#include <string>
#include <vector>

#include "image/kimg_internal.hpp"
#include "services/kdll.hpp"

namespace kr::img {

struct RFTable {
    std::vector<std::unique_ptr<RFInstance>> list;
    // Magic table of every usable plug-in's magic lines, built on first
    // content recognition; per entry the instance and title that declared it.
    Kmgc_MagicTable *magic = nullptr;
    struct Owner {
        RFInstance *instance;
        long title;
    };
    std::vector<Owner> owners;
    std::vector<char> allowed;  // union of the character sets (128 flags), or empty
    bool magicBuilt = false;
};

bool instanceCreate(RFInstance &inst);
void magicBuild(RFTable &t);
void magicFree(RFTable &t);
void tableReset();
long loadedCount();

std::string databaseFileName();
std::string databaseFormat(const std::vector<dll::Library> &libs,
                           const std::vector<std::unique_ptr<RFInstance>> &list);
// Reads the database text; false when it is malformed or does not describe
// exactly these libraries (then it must be rebuilt).
bool databaseParse(const std::string &text, const std::vector<dll::Library> &libs,
                   std::vector<std::unique_ptr<RFInstance>> &list);

}  // namespace kr::img
