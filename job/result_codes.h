// Vocabulary shared by the job, the dialog, the reports and the resources:
// catalogue ids, result codes and the job events. Also read by windres, so
// everything outside RC_INVOKED must stay plain #defines.
#ifndef LV_JOB_RESULT_CODES_H
#define LV_JOB_RESULT_CODES_H

// Message catalogue (string table, language 1033). Every result code other
// than 0 is also the id of the text that explains it.
#define IDS_SERVER 110              // download host, configuration
#define IDS_OBJECT 111              // installer's object path, no leading slash
#define IDS_AGENT 112               // user agent of the download and the cancel report
#define IDS_ERR_NO_STRING 113
#define IDS_ERR_NETWORK 114
#define IDS_ERR_CREATE_TEMP 115
#define IDS_ERR_NO_MEMORY 116
#define IDS_ERR_INTERRUPTED 117
#define IDS_ERR_WRITE_TEMP 118
#define IDS_ERR_RUN_INSTALLER 119
#define IDS_INSTALLING 120          // installing notice; no step yields 120
#define IDS_ERR_INSTALL_FAILED 122
#define IDS_ERR_USER_CANCEL 123     // carried by the cancel report only
#define IDS_ERR_DAMAGED 124         // builds with a pinned digest only: the download differs
#define IDS_ERR_NOT_SIGNED 125      // builds with a publisher check only: not the vendor's signature
#define IDS_INST_CANCELLED 150      // 150 to 152 are stored by the installer
#define IDS_INST_NEWER_EXISTS 151
#define IDS_INST_NO_SPACE 152

// Job events, sent with SendMessageA from the worker to the dialog.
// The values are WM_USER + 0, 1 and 2.
#define WMU_PROGRESS 0x400          // wParam bytes written, lParam expected total
#define WMU_FINISHED 0x401          // wParam the ResultCode; always the last event
#define WMU_INSTALLING 0x402        // once, just before the installer starts

#ifndef RC_INVOKED
#include <stdint.h>

// Outcome of one attempt: 0 is success; the installer's own number is
// passed on unchanged, so any 32-bit value can occur.
typedef uint32_t ResultCode;

#define RESULT_SUCCESS 0u
#endif

#endif
