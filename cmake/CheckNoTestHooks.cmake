# Fails when PROGRAM contains the end-to-end tests' state report (its environment variable's
# name is in every build that has it): cmake -DPROGRAM=... -P CheckNoTestHooks.cmake
file(STRINGS "${PROGRAM}" found REGEX "QDT_AUTOMATION_STATE|QDT_TEST_RELEASE_KEYS" LIMIT_COUNT 1)
if(found)
    message(FATAL_ERROR "${PROGRAM} contains the tests' state report (QDT_AUTOMATION_STATE); "
                        "build what players get with -DQDT_AUTOMATION_HOOK=OFF")
endif()
