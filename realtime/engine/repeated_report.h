// A report that could repeat every record or every frame (a clamp, a failed
// write, stray bytes): the first is said at once; the ones after it are
// counted and said as one line with the count, at most once a second.
#ifndef SERVO_ENGINE_REPEATED_REPORT_H
#define SERVO_ENGINE_REPEATED_REPORT_H

#include <cstdint>

class repeated_report {
public:
    static constexpr std::int64_t interval_ns = 1000000000;

    // Counts amount more; true when a line should be said now, with the
    // count that take() then gives.
    bool count(std::int64_t now, std::uint64_t amount = 1)
    {
        unsaid += amount;
        if (said_any && now - last_said < interval_ns)
            return false;
        said_any = true;
        last_said = now;
        return true;
    }
    // A count not yet said, once its second has passed (flush timers).
    bool owed(std::int64_t now) const { return unsaid > 0 && now - last_said >= interval_ns; }
    // When owed() turns true, or 0 when nothing is owed.
    std::int64_t due() const { return unsaid > 0 ? last_said + interval_ns : 0; }
    // The count to say, as said at now.
    std::uint64_t take(std::int64_t now)
    {
        const std::uint64_t n = unsaid;
        unsaid = 0;
        last_said = now;
        return n;
    }
    // Nothing of this kind for a while: the next one is news again.
    void reset()
    {
        unsaid = 0;
        said_any = false;
    }

private:
    std::uint64_t unsaid = 0;
    std::int64_t last_said = 0;
    bool said_any = false;
};

// The earlier of two deadlines, where 0 means none.
inline std::int64_t earlier(std::int64_t a, std::int64_t b)
{
    return a == 0 ? b : b == 0 ? a : (a < b ? a : b);
}

#endif
