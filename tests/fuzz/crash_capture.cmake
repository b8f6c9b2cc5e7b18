# Readers of untrusted bytes in crash capture.
qm_fuzz_target(crash_report crash_capture)
qm_fuzz_target(macho_image crash_capture)
qm_fuzz_target(eh_frame crash_capture)
qm_fuzz_target(unwind_info crash_capture)
qm_fuzz_target(objc_metadata crash_capture)
