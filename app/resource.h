// Resource identifiers of Keymason.exe.
#pragma once

#define IDD_KEYMASON_DIALOG 102
#define IDR_MAINFRAME 128
