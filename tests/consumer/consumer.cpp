// Links the installed library and checks a few things without a device.
#include <parse_position.h>
#include <servo.h>
#include <cstdio>

int main()
{
    int position = 0;
    const bool ok = sizeof(my_msg_struct) == 28 && servo_width(128) == 1500000 &&
                    parse_position("-7", &position) && position == -7 &&
                    !parse_position("12x", &position);
    std::puts(ok ? "consumer: linked Servo::servo, records and width rule as expected"
                 : "consumer: unexpected results from the installed library");
    return ok ? 0 : 1;
}
