#include "check/key_access.h"

#include <windows.h>

namespace {

// What reading a file takes, or lets one take, once generic rights are mapped
// as FILE_GENERIC_READ and FILE_ALL_ACCESS map them.
constexpr unsigned long ReadingRights = FILE_READ_DATA | WRITE_DAC | WRITE_OWNER;

unsigned long MapGenericRights(unsigned long mask) {
  if (mask & GENERIC_ALL) mask |= FILE_ALL_ACCESS;
  if (mask & GENERIC_READ) mask |= FILE_GENERIC_READ;
  return mask;
}

bool MayRead(const AccessEntry* entries, int count, const AccessEntry& reader) {
  unsigned long granted = 0;
  unsigned long denied = 0;
  for (int i = 0; i < count; ++i) {
    const AccessEntry& entry = entries[i];
    const bool everyoneDenied = entry.kind == AceKind::Deny && entry.trustee == TrusteeKind::Everyone;
    if (entry.identity != reader.identity && !everyoneDenied) continue;
    const unsigned long rights = MapGenericRights(entry.mask) & ReadingRights;
    if (entry.kind == AceKind::Allow)
      granted |= rights & ~denied;
    else
      denied |= rights & ~granted;
  }
  return granted != 0;
}

bool SeenBefore(const AccessEntry* entries, int index) {
  for (int i = 0; i < index; ++i)
    if (entries[i].identity == entries[index].identity) return true;
  return false;
}

}  // namespace

void JudgeKeyFileAccess(const AccessEntry* entries, int count, AccessVerdict& verdict) {
  verdict.groupCount = 0;
  verdict.userCount = 0;
  if (count > MaxAccessEntries) count = MaxAccessEntries;
  for (int i = 0; i < count; ++i) {
    const TrusteeKind trustee = entries[i].trustee;
    if (trustee == TrusteeKind::System || trustee == TrusteeKind::Administrators || SeenBefore(entries, i) ||
        !MayRead(entries, count, entries[i]))
      continue;
    if (trustee == TrusteeKind::User)
      verdict.users[verdict.userCount++] = i;
    else
      verdict.groups[verdict.groupCount++] = i;
  }
}
