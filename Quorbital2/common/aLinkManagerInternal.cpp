#include "aLinkManagerInternal.h"

#include "aMutex.h"
#include "aTime.h"

#include <limits>
#include <new>

namespace {

// How often a creator looks again at a link being created or torn down.
constexpr uint32_t sWaitMs = 10;

struct sTable {
    aMutex* lock = nullptr;
    aLinkEntryRef head;
    int32_t nextId = 1;
    int32_t clientCounter = 0;
};

// The table, made on first use and kept until the process ends (link threads
// may still look at it while the process exits).
sTable& sGetTable() {
    static sTable* table = [] {
        auto* made = new sTable;
        made->lock = aMutex_Create("aLink_Managed");
        return made;
    }();
    return *table;
}

class sLocked {
public:
    sLocked() : table_(sGetTable()) { aMutex_Lock(table_.lock); }
    ~sLocked() { aMutex_Unlock(table_.lock); }
    sLocked(const sLocked&) = delete;
    sLocked& operator=(const sLocked&) = delete;
    sTable* operator->() { return &table_; }

private:
    sTable& table_;
};

bool sSameModule(const aLinkManaged& entry, linkType type, uint32_t identifier, uint32_t port) {
    if (entry.type != type || entry.identifier != identifier) {
        return false;
    }
    // One address may serve several modules on different ports.
    return (type != TCPIP && type != TETHRA) || entry.port == port;
}

// Under the lock: the entry of the module, being torn down or not.
aLinkEntryRef sFindModule(sLocked& table, linkType type, uint32_t identifier, uint32_t port) {
    for (aLinkEntryRef e = table->head; e; e = e->next) {
        if (sSameModule(*e, type, identifier, port)) {
            return e;
        }
    }
    return nullptr;
}

// Under the lock: the live entry with this id.
aLinkEntryRef sFindId(sLocked& table, int32_t id) {
    for (aLinkEntryRef e = table->head; e; e = e->next) {
        if (e->id == id) {
            return e->closing ? nullptr : e;
        }
    }
    return nullptr;
}

// Under the lock: a new entry with a new id and an empty record at the head.
aLinkEntryRef sAdd(sLocked& table, linkType type, uint32_t identifier, uint32_t port) {
    if (table->nextId == std::numeric_limits<int32_t>::max()) {
        return nullptr; // ids are never reused
    }
    aLinkEntryRef entry;
    try {
        entry = std::make_shared<aLinkManaged>();
        entry->link = new aLinkRecord;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    entry->id = table->nextId++;
    entry->type = type;
    entry->identifier = identifier;
    entry->port = port;
    entry->next = table->head;
    table->head = entry;
    return entry;
}

} // namespace

aLinkManaged::aLinkManaged()
    : id(0), parentId(0), server(nullptr), identifier(0), port(0), clientIndex(0), type(INVALID),
      useCount(0), link(nullptr), ready(false), closing(false) {}

aLinkManaged::~aLinkManaged() {
    delete link;
}

aLinkManager_Acquired aLinkManager_Acquire(const aLinkManager_Key& key, bool mayAdd) {
    for (;;) {
        {
            sLocked table;
            aLinkEntryRef found = sFindModule(table, key.type, key.identifier, key.port);
            if (!found) {
                if (!mayAdd) {
                    return {nullptr, false, false};
                }
                return {sAdd(table, key.type, key.identifier, key.port), false, false};
            }
            if (found->ready && !found->closing) {
                if (found->server != nullptr) {
                    return {found, true, true};
                }
                if (found->useCount == std::numeric_limits<int16_t>::max()) {
                    return {nullptr, false, false};
                }
                found->useCount++;
                return {found, true, false};
            }
        }
        aTime_MSSleep(sWaitMs);
    }
}

aLinkEntryRef aLinkManager_Add(linkType type, uint32_t identifier, uint32_t port) {
    sLocked table;
    return sAdd(table, type, identifier, port);
}

void aLinkManager_SetReady(const aLinkEntryRef& entry) {
    sLocked table;
    entry->ready = true;
}

void aLinkManager_SetUseCount(const aLinkEntryRef& entry, int16_t useCount) {
    sLocked table;
    entry->useCount = useCount;
}

aLinkEntryRef aLinkManager_Find(int32_t id) {
    sLocked table;
    return sFindId(table, id);
}

aLinkEntryRef aLinkManager_FindByIdentifier(linkType type, uint32_t identifier, uint32_t port) {
    sLocked table;
    aLinkEntryRef found = sFindModule(table, type, identifier, port);
    return found && !found->closing ? found : nullptr;
}

int32_t aLinkManager_GetUseCount(int32_t id) {
    sLocked table;
    aLinkEntryRef found = sFindId(table, id);
    return found ? found->useCount : -1;
}

size_t aLinkManager_Count() {
    sLocked table;
    size_t count = 0;
    for (aLinkEntryRef e = table->head; e; e = e->next) {
        count++;
    }
    return count;
}

aLinkEntryRef aLinkManager_Release(int32_t id, bool* last) {
    sLocked table;
    *last = false;
    aLinkEntryRef found = sFindId(table, id);
    if (found) {
        found->useCount--;
        if (found->useCount <= 0) {
            found->closing = true;
            *last = true;
        }
    }
    return found;
}

void aLinkManager_Remove(const aLinkEntryRef& entry) {
    sLocked table;
    aLinkEntryRef* at = &table->head;
    while (*at) {
        if (*at == entry) {
            *at = entry->next;
            entry->next.reset();
            return;
        }
        at = &(*at)->next;
    }
}

int32_t aLinkManager_TakeClientIndex() {
    sLocked table;
    return table->clientCounter++;
}
