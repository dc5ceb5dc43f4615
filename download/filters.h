// The task's file-name filters: exact, case-sensitive byte comparisons.
#ifndef VANDRISK_DOWNLOAD_FILTERS_H_
#define VANDRISK_DOWNLOAD_FILTERS_H_

namespace vandrisk {

// True when name begins with head. A null head matches nothing; an empty head
// matches every name.
bool starts_with(const char* name, const char* head);

// True when name ends with tail. A null name or tail matches nothing; an empty
// tail matches every name.
bool ends_with(const char* name, const char* tail);

}  // namespace vandrisk

#endif  // VANDRISK_DOWNLOAD_FILTERS_H_
