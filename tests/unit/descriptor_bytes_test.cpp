// Security descriptors built byte by byte: what the parser refuses, and entry types SDDL cannot
// spell. Computes only, so it runs natively too (under sanitizers).
#include "security/descriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

namespace {

using tkr::Bytes;

// Parts joined; sized first and copied, so that no growth of a small vector is needed.
Bytes Join(std::initializer_list<const Bytes*> parts) {
    size_t size = 0;
    for (const Bytes* part : parts) {
        size += part->size();
    }
    Bytes joined(size);
    size_t at = 0;
    for (const Bytes* part : parts) {
        if (!part->empty()) {
            std::memcpy(joined.data() + at, part->data(), part->size());
        }
        at += part->size();
    }
    return joined;
}

template <typename T> Bytes BytesOf(const T& value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes Sid(BYTE authority, std::initializer_list<DWORD> rids) {
    Bytes sid(8 + 4 * rids.size());
    sid[0] = SID_REVISION;
    sid[1] = static_cast<BYTE>(rids.size());
    sid[7] = authority;
    size_t at = 8;
    for (const DWORD rid : rids) {
        std::memcpy(sid.data() + at, &rid, 4);
        at += 4;
    }
    return sid;
}
const Bytes kEveryone = Sid(1, {0});
const Bytes kSystem = Sid(5, {18});
const Bytes kAdministrators = Sid(5, {32, 544});
const Bytes kCreatorOwner = Sid(3, {0});

Bytes Ace(BYTE type, BYTE flags, ACCESS_MASK mask, const Bytes& sid, const Bytes& data = {}) {
    const Bytes head =
        BytesOf(ACE_HEADER{type, flags, static_cast<WORD>(8 + sid.size() + data.size())});
    const Bytes rights = BytesOf(mask);
    return Join({&head, &rights, &sid, &data});
}

// An ACL of the entries, with `slack` unused bytes after them.
Bytes Acl(const std::vector<Bytes>& aces, size_t slack = 0, BYTE revision = ACL_REVISION) {
    Bytes entries;
    for (const Bytes& ace : aces) {
        entries = Join({&entries, &ace});
    }
    const Bytes unused(slack);
    const Bytes head =
        BytesOf(ACL{revision, 0, static_cast<WORD>(sizeof(ACL) + entries.size() + slack),
                    static_cast<WORD>(aces.size()), 0});
    return Join({&head, &entries, &unused});
}

// A self-relative descriptor of an owner, a group and a DACL, in that order; each may be empty.
Bytes Descriptor(const Bytes& owner, const Bytes& group, const Bytes& dacl) {
    SECURITY_DESCRIPTOR_RELATIVE header{
        SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT | SE_SELF_RELATIVE, 0, 0, 0, 0};
    DWORD at = sizeof header;
    for (auto [part, offset] : {std::pair{&owner, &header.Owner}, std::pair{&group, &header.Group},
                                std::pair{&dacl, &header.Dacl}}) {
        *offset = part->empty() ? 0 : at;
        at += static_cast<DWORD>(part->size());
    }
    const Bytes head = BytesOf(header);
    return Join({&head, &owner, &group, &dacl});
}

TEST(DescriptorBytes, MalformedBytesAreRefusedWithoutAReadOutsideThem) {
    const Bytes good = Descriptor(kAdministrators, kSystem,
                                  Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, kSystem)}));
    tkr::DescriptorParts parts;
    ASSERT_TRUE(tkr::ParseDescriptor(good, parts));
    const size_t owner = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    const size_t acl = owner + kAdministrators.size() + kSystem.size();
    const size_t ace = acl + sizeof(ACL);
    struct Row {
        const char* what;
        size_t at;
        std::vector<BYTE> bytes;
    };
    const Row rows[] = {
        {"owner offset that wraps",
         offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner),
         {0xF8, 0xFF, 0xFF, 0xFF}},
        {"DACL offset that wraps",
         offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl),
         {0xFC, 0xFF, 0xFF, 0xFF}},
        {"ACL revision", acl, {9}},
        {"entry past the ACL's size, inside the descriptor",
         acl + 2,
         {static_cast<BYTE>(good.size() - acl - 4)}},
        {"ACL larger than the bytes", acl + 2, {static_cast<BYTE>(good.size() - acl + 4)}},
        {"entry of 4 bytes", ace + 2, {4, 0}},
        {"entry size not a multiple of 4", ace + 2, {18, 0}},
        {"entry's SID longer than the entry", ace + 9, {2}},
        {"entry's SID of 16 sub-authorities", ace + 9, {16}},
        {"owner of 16 sub-authorities", owner + 1, {16}},
    };
    for (const Row& row : rows) {
        Bytes bad = good;
        std::copy(row.bytes.begin(), row.bytes.end(), bad.begin() + static_cast<long>(row.at));
        EXPECT_FALSE(tkr::ParseDescriptor(bad, parts)) << row.what;
    }
}

TEST(DescriptorBytes, TheRepairsUnusedBytesAreNotCopiedAndCreatorSidsAreReplacedInEveryEntryType) {
    const Bytes data = {'a', 'r', 't', 'x'};
    const Bytes repair = Descriptor(
        {}, {},
        Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, GENERIC_READ, kEveryone)}, 16));
    const Bytes parent =
        Descriptor({}, {},
                   Acl({Ace(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, CONTAINER_INHERIT_ACE, GENERIC_ALL,
                            kCreatorOwner, data),
                        Ace(0x30, CONTAINER_INHERIT_ACE, GENERIC_ALL, kSystem)}));
    const Bytes key = Descriptor(kSystem, kSystem, Acl({}));
    tkr::DescriptorParts repairParts, keyParts, writtenParts;
    ASSERT_TRUE(tkr::ParseDescriptor(repair, repairParts));
    ASSERT_TRUE(tkr::ParseDescriptor(key, keyParts));
    const Bytes written = tkr::RepairedDaclDescriptor(
        repairParts.dacl, keyParts, reinterpret_cast<const SID*>(kAdministrators.data()), &parent);
    ASSERT_TRUE(tkr::ParseDescriptor(written, writtenParts));
    std::vector<Bytes> entries;
    tkr::ForEachAce(writtenParts.dacl,
                    [&](const BYTE* ace, WORD size) { entries.emplace_back(ace, ace + size); });
    // The repair's, the callback entry's effective and inherit-only copies, and the entry of an
    // unknown layout passed on as it stands, its flags aside.
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[1], Ace(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, INHERITED_ACE, KEY_ALL_ACCESS,
                              kAdministrators, data));
    EXPECT_EQ(entries[2], Ace(ACCESS_ALLOWED_CALLBACK_ACE_TYPE,
                              CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE, GENERIC_ALL,
                              kCreatorOwner, data));
    EXPECT_EQ(entries[3], Ace(0x30, CONTAINER_INHERIT_ACE | INHERITED_ACE, GENERIC_ALL, kSystem));
}

// Windows' own rules for a valid ACL, no stricter (a key's owner could make the key
// unrepairable) and no looser (an entry read past its end). Each DACL is also checked as a
// repaired one would be, so that the sanitizers see every read of its entries.
TEST(DescriptorBytes, AclsAreValidExactlyWhereWindowsTakesThem) {
    const Bytes allowed = Ace(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, kEveryone);
    // Inherited and inheritable: what a repair passes on, or keeps, must still be an ACL Windows
    // takes.
    const Bytes shortCallback = {ACCESS_ALLOWED_CALLBACK_ACE_TYPE,
                                 CONTAINER_INHERIT_ACE | INHERITED_ACE, 4, 0};
    const Bytes shortUnknown = {0x30, 0, 6, 0, 0, 0};
    Bytes compound = Ace(ACCESS_ALLOWED_COMPOUND_ACE_TYPE, 0, KEY_READ, {1, 0, 0, 0}, kSystem);
    compound = Join({&compound, &kEveryone});
    compound[2] = static_cast<BYTE>(compound.size());
    const Bytes object = Ace(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, KEY_READ, {0, 0, 0, 0}, kSystem);
    struct Row {
        const char* what;
        Bytes acl;
        bool valid;
    };
    const Row rows[] = {
        {"size 4k+2: unused bytes after the entries", Acl({allowed}, 2), true},
        {"size odd", Acl({allowed}, 1), false},
        {"a callback entry of 4 bytes, not at the end", Acl({shortCallback, allowed}), true},
        {"an entry of an unknown type, of an even size", Acl({allowed, shortUnknown}, 2), true},
        {"a last entry whose header ends the ACL", Acl({allowed, shortCallback}), false},
        {"a callback entry of 4 bytes, 2 unused bytes after it", Acl({allowed, shortCallback}, 2),
         true},
        {"compound entry in a revision 3 ACL", Acl({compound}, 0, 3), true},
        {"compound entry in a revision 2 ACL", Acl({compound}), false},
        {"object entry in a revision 4 ACL", Acl({object}, 0, 4), true},
        {"object entry in a revision 2 ACL", Acl({object}), false},
    };
    const Bytes repair = Descriptor(
        {}, {},
        Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, GENERIC_READ, kEveryone)}));
    tkr::DescriptorParts repairParts;
    ASSERT_TRUE(tkr::ParseDescriptor(repair, repairParts));
    for (const Row& row : rows) {
        const Bytes descriptor = Descriptor(kAdministrators, kSystem, row.acl);
        tkr::DescriptorParts parts;
        ASSERT_EQ(tkr::ParseDescriptor(descriptor, parts), row.valid) << row.what;
        if (row.valid) {
            EXPECT_FALSE(tkr::IsRepairDacl(parts.dacl, 0,
                                           *reinterpret_cast<const SID*>(kEveryone.data()),
                                           *reinterpret_cast<const SID*>(kAdministrators.data())))
                << row.what;
            for (const Bytes* parent : {&descriptor, static_cast<const Bytes*>(nullptr)}) {
                const Bytes repaired =
                    tkr::RepairedDaclDescriptor(repairParts.dacl, parts, nullptr, parent);
                tkr::DescriptorParts repairedParts;
                EXPECT_TRUE(tkr::ParseDescriptor(repaired, repairedParts)) << row.what;
            }
        }
    }
}

} // namespace
