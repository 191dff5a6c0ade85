/* The least a position command can cost: open, one 28-byte write, close. */
#include <fcntl.h>
#include <unistd.h>

int main(void)
{
    char record[28] = {'N'};
    int fd = open(SERVO_COMMAND_DEVICE, O_RDWR);
    if (fd < 0)
        return 1;
    if (write(fd, record, sizeof record) != (ssize_t)sizeof record)
        return 1;
    close(fd);
    return 0;
}
