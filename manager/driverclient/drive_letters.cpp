// Drive-letter choices for a mount, from the system's logical-drive mask.
#include "redav_client.h"

namespace {

constexpr WCHAR first_volume_letter = u'D';
constexpr WCHAR last_volume_letter = u'Z';

} // namespace

bool RedAvClient::IsLetterFree(WCHAR letter) const
{
    if (letter >= u'a' && letter <= u'z')
        letter = WCHAR(letter - 32);
    // Any other code unit would land on some letter's bit (or beyond the mask) and pass for free.
    if (letter < u'A' || letter > u'Z')
        return false;
    return (GetLogicalDrives() & (DWORD(1) << (letter - u'A'))) == 0;
}

WCHAR RedAvClient::FindFreeLetter(bool fromZ) const
{
    for (int i = 0; i <= last_volume_letter - first_volume_letter; ++i) {
        WCHAR letter = fromZ ? WCHAR(last_volume_letter - i) : WCHAR(first_volume_letter + i);
        if (IsLetterFree(letter))
            return letter;
    }
    return 0;
}

std::vector<WCHAR> RedAvClient::GetFreeLetters() const
{
    std::vector<WCHAR> letters;
    for (WCHAR letter = first_volume_letter; letter <= last_volume_letter; ++letter)
        if (IsLetterFree(letter))
            letters.push_back(letter);
    return letters;
}
