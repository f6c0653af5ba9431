// Names of the progress channel that other processes open to show how far
// the download has come: a 4-byte cell holding the whole percentage (0 to
// 99, least significant byte first), guarded by a mutex.
#ifndef LV_JOB_PROGRESS_CHANNEL_H
#define LV_JOB_PROGRESS_CHANNEL_H

#define PROGRESS_MUTEX_NAME "Lumenvast Download Progress Mutex"
#define PROGRESS_MAPPING_NAME "Lumenvast Download File Mapping"
#define PROGRESS_CELL_SIZE 4

#endif
