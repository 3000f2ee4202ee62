#pragma once
// Who may read a key file, judged from its access list alone: the entries in
// order, as an access check reads them, whoever runs the check.

enum class AceKind { Allow, Deny };

// Whom an entry names. Entries naming the same account or group carry the
// same `identity`.
enum class TrusteeKind { System, Administrators, Everyone, Group, User };

struct AccessEntry {
  AceKind kind;
  unsigned long mask;
  TrusteeKind trustee;
  int identity;
};

constexpr int MaxAccessEntries = 64;

// Readers beyond SYSTEM and Administrators, each as the index of the first
// entry that names it.
struct AccessVerdict {
  int groupCount;
  int groups[MaxAccessEntries];
  int userCount;
  int users[MaxAccessEntries];
};

// A group reads when its entries grant reading before they deny it. A deny
// entry for Everyone holds for all; any other deny only for whom it names,
// since which groups a user belongs to is not the file's to say. Holding
// WRITE_DAC or WRITE_OWNER counts as reading: it lets one grant oneself the
// rest. At most MaxAccessEntries entries are read.
void JudgeKeyFileAccess(const AccessEntry* entries, int count, AccessVerdict& verdict);
