// Building blocks shared by the operations' files: the outcomes they return and the checks
// several of them make.
#pragma once

#include "vault_operations.h"

namespace ops_detail {

inline Outcome done(bool refresh = true, WCHAR letter = 0)
{
    Outcome o;
    o.refresh = refresh;
    o.letter = letter;
    return o;
}

inline Outcome stopped(StopReason why, bool refresh = false)
{
    Outcome o;
    o.result = OpResult::Stopped;
    o.stop = why;
    o.refresh = refresh;
    return o;
}

// The question was not answered Yes.
inline Outcome declined(MessageId question, bool refresh = false)
{
    Outcome o = stopped(StopReason::Declined, refresh);
    o.declined = question;
    return o;
}

// A message without arguments; `focus` 0 leaves the focus where it is.
inline Outcome refused(MessageId id, int focus = 0, OpResult result = OpResult::Refused)
{
    Outcome o;
    o.result = result;
    o.message = id;
    o.text = MessageText(id);
    o.focus = focus;
    return o;
}

// Asks a question of the table; true only for Yes.
inline bool ask_yes(const AskFn& ask, MessageId id, const std::u16string& text,
                    const std::u16string& detail = {})
{
    return ask && ask(id, text, detail);
}

// The drive type of the path's first three characters is a fixed disk.
bool on_fixed_disk(const std::u16string& path);

// Saves the whole catalogue to "Lockbin.xml"; the result is not looked at.
void save_catalogue(VaultCatalogue& catalogue);

} // namespace ops_detail
