// The connections that have not finished their Hello: whom each comes
// from, whether it holds a served place, and which of them gives way when a
// new connection finds no room. Not locked: the machine's lock covers it.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrel::agent {

class Newcomers {
public:
    struct Entry {
        uint64_t ticket = 0;
        int fd = -1;
        std::string party;  // PeerParty of the peer
        std::string shown;  // the peer's address, for messages
        bool served = false;
    };

    Newcomers();

    // Returns the entry's ticket (never 0).
    uint64_t Add(int fd, const std::string& party, const std::string& shown, bool served);
    // False when the ticket is not (or no longer) here.
    bool Remove(uint64_t ticket);
    uint32_t CountFrom(const std::string& party) const;
    size_t Size() const { return entries_.size(); }

    // Chooses, removes and returns the connection that gives way: one of
    // `party`'s own when it is given, else one of the parties that hold the
    // most; holding a served place when `servedOnly`, else preferably so.
    //
    // At random rather than the oldest: with the oldest first, whoever opens
    // connections faster than a client can send its Hello always pushes the
    // client out, since the client becomes the oldest within a known number
    // of new connections; at random the client stays with a chance that the
    // attacker's pace only lowers, and nothing can be timed against it.
    // Among the parties that hold the most: a flood from a few addresses
    // pushes out its own connections before anyone else's.
    bool TakeGivingWay(const std::string* party, bool servedOnly, Entry& chosen);

private:
    void RemoveAt(size_t index);

    std::vector<Entry> entries_;
    std::unordered_map<uint64_t, size_t> indexOf_;     // ticket -> entries_ index
    std::unordered_map<std::string, uint32_t> countOf_;  // party -> entries
    uint64_t lastTicket_ = 0;
    std::mt19937_64 random_;
};

}  // namespace kestrel::agent
