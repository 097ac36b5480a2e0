// flashtool: upgrades the one connected device to the firmware image it carries.
#include "FirmwareUpgrade.h"

int main() { return plendrik::RunFlashTool(); }
