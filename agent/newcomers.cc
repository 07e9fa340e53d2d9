#include "agent/newcomers.h"

#include <algorithm>

namespace kestrel::agent {

// Seeded unpredictably: a peer must not be able to work out whom the next
// choice falls on.
Newcomers::Newcomers() : random_(std::random_device{}()) {}

uint64_t Newcomers::Add(int fd, const std::string& party, const std::string& shown, bool served) {
    const uint64_t ticket = ++lastTicket_;
    indexOf_[ticket] = entries_.size();
    entries_.push_back(Entry{ticket, fd, party, shown, served});
    ++countOf_[party];
    return ticket;
}

bool Newcomers::Remove(uint64_t ticket) {
    const auto found = indexOf_.find(ticket);
    if (found == indexOf_.end()) return false;
    RemoveAt(found->second);
    return true;
}

void Newcomers::RemoveAt(size_t index) {
    Entry& entry = entries_[index];
    const auto count = countOf_.find(entry.party);
    if (count != countOf_.end() && --count->second == 0) countOf_.erase(count);
    indexOf_.erase(entry.ticket);
    if (index + 1 != entries_.size()) {
        entry = std::move(entries_.back());
        indexOf_[entry.ticket] = index;
    }
    entries_.pop_back();
}

uint32_t Newcomers::CountFrom(const std::string& party) const {
    const auto found = countOf_.find(party);
    return found == countOf_.end() ? 0 : found->second;
}

bool Newcomers::TakeGivingWay(const std::string* party, bool servedOnly, Entry& chosen) {
    const auto inQuestion = [&](const Entry& entry) { return party == nullptr || entry.party == *party; };
    bool anyServed = false;
    for (const Entry& entry : entries_) anyServed |= inQuestion(entry) && entry.served;
    // Served ones first when both would do: the newcomer takes over the place.
    const bool wantServed = servedOnly || anyServed;
    const auto qualifies = [&](const Entry& entry) { return inQuestion(entry) && (entry.served || !wantServed); };
    uint32_t most = 0;
    for (const Entry& entry : entries_) {
        if (qualifies(entry)) most = std::max(most, CountFrom(entry.party));
    }
    std::vector<size_t> candidates;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (qualifies(entries_[i]) && CountFrom(entries_[i].party) == most) candidates.push_back(i);
    }
    if (candidates.empty()) return false;
    const size_t index = candidates[std::uniform_int_distribution<size_t>(0, candidates.size() - 1)(random_)];
    chosen = entries_[index];
    RemoveAt(index);
    return true;
}

}  // namespace kestrel::agent
