// The process-wide link table: a singly linked list of entries, new ones at
// the head, guarded by the mutex "aLink_Managed" (made on first use). Ids
// start at 1, rise by one per entry and are never reused.
//
// Entries are handed out as shared references: a thread that found an entry
// may go on using it and its link record after releasing the table lock,
// also when another thread destroys the link meanwhile; the memory goes with
// the last reference. The lock is held only for lookups, insertions,
// removals and use-count changes, never while a link starts, stops or waits.
#ifndef QB_ALINKMANAGERINTERNAL_H
#define QB_ALINKMANAGERINTERNAL_H

#include "aDefs.h"
#include "aLink.h"

#include <cstdint>
#include <memory>

// The local link server sharing a USB link (made by the local link server).
struct aServer;

struct aLinkManaged;
typedef std::shared_ptr<aLinkManaged> aLinkEntryRef;

struct aLinkManaged {
    int32_t id;
    int32_t parentId;    // link destroyed together with this one; else 0
    aServer* server;     // the server sharing this USB link, or none
    uint32_t identifier; // serial number, IPv4 address, or aLINK_ANY_IDENTIFIER
    uint32_t port;       // TCP port (TCPIP, TETHRA), else 0
    int32_t clientIndex; // TETHRA: the client counter at creation
    linkType type;       // INVALID for aLink_Create
    int16_t useCount;    // holders
    aLinkRecord* link;   // owned
    aLinkEntryRef next;

    // While a creator sets the link up, other creators for the same module
    // wait for it rather than share a link that may yet fail.
    bool ready;
    // Destroyed by its last holder and being torn down: unknown by id, but
    // creators for the same module wait until it is gone, so that its
    // stream is closed before a new one is opened.
    bool closing;

    aLinkManaged();
    ~aLinkManaged();
    aLinkManaged(const aLinkManaged&) = delete;
    aLinkManaged& operator=(const aLinkManaged&) = delete;
};

// What a creator asks the table for.
struct aLinkManager_Key {
    linkType type;
    uint32_t identifier;
    uint32_t port;
};

// Outcome of aLinkManager_Acquire.
struct aLinkManager_Acquired {
    aLinkEntryRef entry; // null when none was found or added
    bool existing;       // an existing link whose use count was raised
    bool refused;        // an existing link that must not be shared (it has a server)
};

// For a creator: finds the ready link for key and raises its use count, or
// (when mayAdd) adds a new entry (use count 0, not ready) at the head. Waits
// while a link for the same module is being created or torn down.
aLinkManager_Acquired aLinkManager_Acquire(const aLinkManager_Key& key, bool mayAdd);
// Adds a new entry that is never shared (aLink_Create). Null when memory is short.
aLinkEntryRef aLinkManager_Add(linkType type, uint32_t identifier, uint32_t port);
// Marks an entry made by a creator as ready for sharing.
void aLinkManager_SetReady(const aLinkEntryRef& entry);
// Sets the use count (a creator's first holder).
void aLinkManager_SetUseCount(const aLinkEntryRef& entry, int16_t useCount);

// The live entry with this id, or null.
aLinkEntryRef aLinkManager_Find(int32_t id);
// The live entry of the module with this transport and identifier (for
// TCPIP and TETHRA also the port), or null.
aLinkEntryRef aLinkManager_FindByIdentifier(linkType type, uint32_t identifier, uint32_t port);
// Use count of the live entry with this id; -1 for an unknown id.
int32_t aLinkManager_GetUseCount(int32_t id);
// Number of entries in the table, those being torn down included.
size_t aLinkManager_Count();

// Lowers the use count of the live entry with this id. Answers null for an
// unknown id; else the entry, with *last set when the count reached 0 or
// below: the entry is then unknown by id and the caller must tear it down
// and remove it.
aLinkEntryRef aLinkManager_Release(int32_t id, bool* last);
// Takes a torn-down entry out of the list.
void aLinkManager_Remove(const aLinkEntryRef& entry);

// The process-wide counter of client links: answers its value and raises it.
int32_t aLinkManager_TakeClientIndex();

#endif
