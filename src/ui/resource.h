// Resource ids shared by the dialog code and the resource script.
#pragma once

#define IDD_PROGRESS 101
#define IDC_STATUS_TEXT 1001
#define IDC_PROGRESS 1002
#define IDI_APPLICATION_ICON 1
