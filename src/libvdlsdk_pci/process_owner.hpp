#pragma once
// DMA memory belongs to the process that allocated or pinned it. A forked
// child shares the parent's open device node, so a request the child sent
// about the parent's memory (free, unpin, cache synchronisation) would act on
// the parent's buffer while the parent and its card still use it; a bus
// address handed out in the child would name the parent's pages, not the
// child's copy of a pinned region.
#include <unistd.h>

#include "vdlsdk/vdl_exception.hpp"

namespace vdlpci_detail {

inline bool ownedHere(int owner) { return ::getpid() == owner; }

// VDLException<-7> for a DMA call in a process other than the owner.
inline void requireOwner(int owner, const char* what)
{
    const int self = ::getpid();
    if (self != owner)
        throw VDLException<-7>("{} belongs to process {}: process {} may not use it for DMA",
                               what, owner, self);
}

} // namespace vdlpci_detail
