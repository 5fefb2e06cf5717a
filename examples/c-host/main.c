/* A host in plain C: the plug-in's callback object laid out by hand. Loads the plug-in, lists
   its sensors, connects, measures for a few seconds, stops, disconnects and unloads.
   Usage: c-host LIBRARY [SECONDS] */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#define SLEEP_SECONDS(s) Sleep(1000u * (s))
#else
#include <dlfcn.h>
#include <unistd.h>
#define SLEEP_SECONDS(s) sleep(s)
#endif

/* The record a sink's record calls receive; pointers are 4 bytes on x86, 8 on x64. */
typedef struct MeasureRecord {
  double* position;  /* x, y, z */
  double* direction; /* x, y, z */
  double* points;    /* point i is points[3 * i] .. points[3 * i + 2] */
  int32_t pointCount;
} MeasureRecord;

/* The host's 168-byte sensor record that SensorGetList fills. */
typedef struct SensorEntry {
  int32_t sensorType; /* 1 automatic, 2 laser, 3 probe */
  int32_t reserved0;
  double probeRadius;
  int32_t sensorKind; /* 4 laser, 1 probe */
  char label[48];
  char reserved1[100];
} SensorEntry;

/* The plug-in calls the sink's nine slots as C++ member functions. On x64 (and on Linux) that
   is an ordinary call whose first argument is the object. On x86 it is "thiscall": the object
   in ECX, the other arguments on the stack, removed by the function called. No C compiler
   declares thiscall functions, but __fastcall takes its first argument in ECX, its second in
   EDX and the rest from the stack, which it also removes: a __fastcall function with an unused
   second parameter is a thiscall method. SINK_CALL and SINK_SELF make each slot's function one
   such thunk on x86 and a plain function elsewhere. */
#if defined(_M_IX86) || defined(__i386__)
#define SINK_CALL __fastcall
#define SINK_SELF struct Sink *self, void *edx
#else
#define SINK_CALL
#define SINK_SELF struct Sink* self
#endif

struct Sink;
/* The slots in the plug-in's order; the first is never called. */
typedef struct SinkTable {
  void(SINK_CALL* reserved)(SINK_SELF);
  void(SINK_CALL* onButtonEvent2)(SINK_SELF);
  void(SINK_CALL* onButtonEvent4)(SINK_SELF);
  void(SINK_CALL* beginMeasure)(SINK_SELF);
  void(SINK_CALL* addPassMeasure)(SINK_SELF, MeasureRecord* record);
  void(SINK_CALL* beginPass)(SINK_SELF);
  void(SINK_CALL* endPass)(SINK_SELF);
  void(SINK_CALL* addFreeMeasure)(SINK_SELF, MeasureRecord* record);
  void(SINK_CALL* notifyButton)(SINK_SELF, int32_t button);
} SinkTable;

/* The plug-in reads only the table pointer; the host's own fields follow it. They are written
   on the plug-in's acquisition thread and read here after MeasureStop, when no call runs. */
typedef struct Sink {
  const SinkTable* table;
  long records;
  long points;
  long passes;
  long malformed; /* records that a wrongly laid table or convention would garble */
} Sink;

static void SINK_CALL Ignore(SINK_SELF) {}
static void SINK_CALL AddRecord(SINK_SELF, MeasureRecord* record) {
  if (record == NULL || record->position == NULL || record->direction == NULL ||
      record->pointCount < 0 || record->pointCount > 10000 ||
      (record->pointCount > 0 && record->points == NULL)) {
    self->malformed += 1;
    return;
  }
  self->records += 1;
  self->points += record->pointCount;
}
static void SINK_CALL BeginPass(SINK_SELF) { self->passes += 1; }
static void SINK_CALL NotifyButton(SINK_SELF, int32_t button) {}

static const SinkTable SINK_TABLE = {Ignore,    Ignore, Ignore,    Ignore,      AddRecord,
                                     BeginPass, Ignore, AddRecord, NotifyButton};

/* The exports: the C convention, 32-bit integer results. */
typedef int32_t (*ConnectFn)(int32_t mode);
typedef int32_t (*Int32Fn)(int32_t value);
typedef int32_t (*MeasureStartFn)(Sink* sink);
typedef int32_t (*MeasureStopFn)(void);
typedef int32_t (*SensorGetListFn)(SensorEntry* entries, int32_t unused, int32_t* count);

static void* library;

static void* Export(const char* name) {
#ifdef _WIN32
  void* address = (void*)GetProcAddress((HMODULE)library, name);
#else
  void* address = dlsym(library, name);
#endif
  if (address == NULL) {
    fprintf(stderr, "c-host: no export %s\n", name);
    exit(3);
  }
  return address;
}

static void Unload(void) {
#ifdef _WIN32
  FreeLibrary((HMODULE)library);
#else
  dlclose(library);
#endif
}

int main(int argc, char** argv) {
  SensorEntry sensors[8]; /* the plug-in writes three entries without a size check */
  int32_t count = 0;
  int i;
  Sink sink = {&SINK_TABLE, 0, 0, 0, 0};
  unsigned seconds = argc > 2 ? (unsigned)atoi(argv[2]) : 3u;
  if (argc < 2) {
    fprintf(stderr, "usage: c-host LIBRARY [SECONDS]\n");
    return 2;
  }
#ifdef _WIN32
  library = (void*)LoadLibraryA(argv[1]);
#else
  library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
#endif
  if (library == NULL) {
    fprintf(stderr, "c-host: cannot load %s\n", argv[1]);
    return 3;
  }
  ((SensorGetListFn)Export("SensorGetList"))(sensors, 0, &count);
  for (i = 0; i < count && i < 8; ++i) {
    printf("sensor %d kind %d: %.47s\n", sensors[i].sensorType, sensors[i].sensorKind,
           sensors[i].label);
  }
  if (((ConnectFn)Export("Connect"))(1) != 0) {
    fprintf(stderr, "c-host: Connect(1) failed\n");
    Unload();
    return 4;
  }
  ((Int32Fn)Export("SensorSet"))(2); /* the laser */
  ((Int32Fn)Export("ButtonModeSet"))(0);
  if (((MeasureStartFn)Export("MeasureStart"))(&sink) != 0) {
    fprintf(stderr, "c-host: MeasureStart failed\n");
    ((ConnectFn)Export("Connect"))(0);
    Unload();
    return 5;
  }
  SLEEP_SECONDS(seconds);
  ((MeasureStopFn)Export("MeasureStop"))();
  ((ConnectFn)Export("Connect"))(0);
  Unload();
  printf("records %ld points %ld passes %ld malformed %ld\n", sink.records, sink.points,
         sink.passes, sink.malformed);
  return sink.points > 0 && sink.malformed == 0 ? 0 : 1;
}
