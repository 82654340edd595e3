// The machine-wide event that asks every running instance, in every logon
// session, to end. Each instance makes or opens it (only SYSTEM and
// administrators may set it); an administrator's --quit sets it.
#pragma once

namespace pvd::win32 {

inline constexpr wchar_t kEndEventName[] = L"Global\\pacs-vantora-driver-end";

}  // namespace pvd::win32
