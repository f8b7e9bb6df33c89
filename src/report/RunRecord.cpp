#include "report/RunRecord.h"

#include <algorithm>

const char* ResendRecord::Event::fateName(Fate fate)
{
    switch (fate) {
    case Fate::Delivered: return "delivered";
    case Fate::Kept: return "kept";
    case Fate::Failed: return "failed";
    case Fate::Dropped: return "dropped";
    case Fate::Waiting: return "waiting";
    }
    return "";
}

int ResendRecord::count(Event::Fate fate) const
{
    return int(std::count_if(events.begin(), events.end(), [fate](const Event& event) { return event.fate == fate; }));
}
