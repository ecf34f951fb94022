/* What FakeAdoVtables.c (C, on MinGW-w64's ADO declarations) shares with the C++ tests. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    const char* Interface; /* the adapter's interface */
    const char* Method;    /* the adapter's method */
    unsigned Slot;         /* where the system header puts it */
} TVelmoraAdoSystemSlot;

extern const TVelmoraAdoSystemSlot VelmoraAdoSystemSlots[];
extern const unsigned VelmoraAdoSystemSlotCount;
extern const unsigned VelmoraAdoLongPtrSize;

extern const void* const VelmoraFakeAdoConnectionVtbl;
extern const void* const VelmoraFakeAdoCommandVtbl;
extern const void* const VelmoraFakeAdoRecordsetVtbl;
extern const void* const VelmoraFakeAdoFieldsVtbl;
extern const void* const VelmoraFakeAdoFieldVtbl;
extern const void* const VelmoraFakeAdoErrorsVtbl;
extern const void* const VelmoraFakeAdoErrorVtbl;

#ifdef __cplusplus
}
#endif
