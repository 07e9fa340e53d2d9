// For the Windows implementations only: security attributes for a new file
// that only the current user may open, with a handle that child processes do
// not inherit. Where the user's identity cannot be read, the file gets the
// directory's inherited permissions instead (the user's temporary directory
// is private already); creating the file is never refused for that.
#pragma once

#include <windows.h>

namespace kestrel::platform {

class OwnerOnlyAttributes {
public:
    OwnerOnlyAttributes() {
        attributes_.nLength = sizeof attributes_;
        attributes_.bInheritHandle = FALSE;
        if (BuildDescriptor()) attributes_.lpSecurityDescriptor = &descriptor_;
    }
    OwnerOnlyAttributes(const OwnerOnlyAttributes&) = delete;
    OwnerOnlyAttributes& operator=(const OwnerOnlyAttributes&) = delete;

    SECURITY_ATTRIBUTES* get() { return &attributes_; }

private:
    bool ReadUser() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
        DWORD size = 0;
        const bool read = GetTokenInformation(token, TokenUser, user_, sizeof user_, &size) != FALSE;
        CloseHandle(token);
        return read;
    }

    // One entry: full access for the user; nothing inherited from the directory.
    bool BuildDescriptor() {
        if (!ReadUser()) return false;
        PSID sid = reinterpret_cast<TOKEN_USER*>(user_)->User.Sid;
        return IsValidSid(sid) && InitializeAcl(reinterpret_cast<ACL*>(acl_), sizeof acl_, ACL_REVISION) &&
               AddAccessAllowedAce(reinterpret_cast<ACL*>(acl_), ACL_REVISION, FILE_ALL_ACCESS, sid) &&
               InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor_, TRUE, reinterpret_cast<ACL*>(acl_), FALSE) &&
               SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }

    SECURITY_ATTRIBUTES attributes_{};
    SECURITY_DESCRIPTOR descriptor_{};
    alignas(8) unsigned char user_[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE]{};
    alignas(8) unsigned char acl_[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE]{};
};

}  // namespace kestrel::platform
