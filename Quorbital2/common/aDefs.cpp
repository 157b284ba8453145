#include "aDefs.h"

#include <new>

namespace {

struct sModelName {
    uint32_t model;
    const char* name;
};

const sModelName sModelNames[] = {
    {4, "Arvel"},    {5, "Brisk"},    {13, "Calder"},  {14, "Dovran"},
    {15, "Elmtor"},  {16, "Fenwyn"},  {17, "Galbrek"}, {18, "Hestrin"},
    {19, "Istven"},  {20, "Jorvath"}, {21, "Kelmora"}, {22, "Lunvar"},
    {23, "Morwick"}, {24, "Nalvek"},  {25, "Orthane"}, {26, "Pellix"},
};

} // namespace

const char* aDefs_GetModelName(uint32_t model) {
    for (const auto& entry : sModelNames) {
        if (entry.model == model) {
            return entry.name;
        }
    }
    return "Unknown";
}

linkSpec* aLinkSpec_Create(linkType type) {
    auto* spec = new (std::nothrow) linkSpec;
    if (spec == nullptr) {
        return nullptr;
    }
    memset(spec, 0, sizeof *spec);
    spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec) {
    auto* copy = new (std::nothrow) linkSpec;
    if (copy != nullptr) {
        memcpy(copy, &spec, sizeof spec);
    }
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
    if (spec == nullptr || *spec == nullptr) {
        return aErrParam;
    }
    delete *spec;
    *spec = nullptr;
    return aErrNone;
}
