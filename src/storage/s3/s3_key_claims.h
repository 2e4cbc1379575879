#pragma once
// The keys this process is writing or committing, so that two uploads in
// one process never take one key: under replace a key being written is
// refused to a second writer (as a local file being written is), under
// keep-both a key already claimed is skipped, and under refuse the check
// that a key is free and the commit that takes it run as one step. Other
// processes (other instances on other machines) are not seen: for them
// the store's own answer at commit is all there is (docs/scaling.md).

#include <string>

namespace parcelmoor {

// Claims `key` when no one in this process holds it; returns whether it did.
bool TryClaimKey(const std::string& key);
// Claims `key`, waiting while another upload in this process holds it.
void ClaimKey(const std::string& key);
// Gives a claimed key back.
void ReleaseKey(const std::string& key) noexcept;

}  // namespace parcelmoor
