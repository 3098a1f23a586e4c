/* The memory the NTFS and exFAT readers use, defined by whoever hosts them
 * (the UEFI driver, the native tests, the fuzz targets): a header of its own
 * so that the readers and their host need not include each other. */
#ifndef DROVELKIT_FSR_ALLOC_H
#define DROVELKIT_FSR_ALLOC_H
#include <stddef.h>

/* Zeroed memory, or NULL; and its release (NULL is let pass). */
void* fsr_alloc(size_t size);
void fsr_free(void* pointer);

#endif
