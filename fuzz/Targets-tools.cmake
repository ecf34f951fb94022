# The tools' readers: the bridge's requests, velmora-backup's scripts and
# velmora-host's command line with the text conversions around its call.
velmora_fuzz_target(fuzz_bridge_frames ${CMAKE_CURRENT_LIST_DIR}/bridge_frames.cpp velmora_bridge_protocol)
velmora_fuzz_target(fuzz_backup_script ${CMAKE_CURRENT_LIST_DIR}/backup_script.cpp velmora_standin)
velmora_fuzz_target(fuzz_host_arguments ${CMAKE_CURRENT_LIST_DIR}/host_arguments.cpp velmora_host_arguments velmora_posix
  velmora_core)
