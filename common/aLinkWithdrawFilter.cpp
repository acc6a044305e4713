// Withdrawing one user's packet filter from a link that several users may share.
#include "common/internal/aLinkRecord.h"

aErr aLink_WithdrawUserPacketFilter(aLinkRef id, aPacketFilterProc filter, void* reference) {
  std::shared_ptr<aLink> link = sGetLink(id);
  if (!link || link->userFilterSema == nullptr || filter == nullptr) return aErrParam;
  aMutex_Lock(link->userFilterSema);
  const bool ours = link->userFilter == filter && link->userFilterReference == reference;
  if (ours) {
    link->userFilter = nullptr;
    link->userFilterReference = nullptr;
  }
  aMutex_Unlock(link->userFilterSema);
  return ours ? aErrNone : aErrNotFound;
}
