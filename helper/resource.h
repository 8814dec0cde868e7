// Resource ids of Quillet. Shared by quillet.rc and the C++ sources.
#pragma once

#define IDR_SKIN_FRAME 129
#define IDR_SKIN_CLOSE 130
#define IDR_SKIN_CLOSE_LIT 131
#define IDR_SKIN_MINIMISE 132
#define IDR_SKIN_MINIMISE_LIT 133
#define IDR_SKIN_REFRESH 134
#define IDR_SKIN_REFRESH_LIT 135
#define IDI_QUILLET 136

#ifndef RC_INVOKED
namespace quillet {
constexpr wchar_t kPngResourceType[] = L"PNG";
}  // namespace quillet
#endif
