"""Drive a servo of the rig from Python: positions become the rig's 28-byte
command records, written by the C++ library itself (libservo)."""
from servo._servo import COMMAND_DEVICE, STATUS_DEVICE, BaseServo, Servo, width

__all__ = ["BaseServo", "Servo", "width", "COMMAND_DEVICE", "STATUS_DEVICE"]
