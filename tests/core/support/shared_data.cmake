# Where the shared data (real bank files: corpus/, camt-corpus/) is: ../shared beside
# the checkout, or, in a git worktree, beside its main checkout. -DTALLYFOLD_SHARED_DIR
# names another place. A folder that does not exist is fine: the tests that need it skip
# (or fail under CI), everything else builds and runs.
if(NOT DEFINED TALLYFOLD_SHARED_DIR)
  get_filename_component(tallyfold_shared "${PROJECT_SOURCE_DIR}/../shared" ABSOLUTE)
  if(NOT IS_DIRECTORY "${tallyfold_shared}" AND NOT IS_DIRECTORY "${PROJECT_SOURCE_DIR}/.git"
     AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
    # A worktree's .git file names <main checkout>/.git/worktrees/<name>.
    file(STRINGS "${PROJECT_SOURCE_DIR}/.git" tallyfold_gitdir LIMIT_COUNT 1 REGEX "^gitdir: ")
    string(REGEX REPLACE "^gitdir: *" "" tallyfold_gitdir "${tallyfold_gitdir}")
    get_filename_component(tallyfold_main "${tallyfold_gitdir}/../../.." ABSOLUTE
                           BASE_DIR "${PROJECT_SOURCE_DIR}")
    if(IS_DIRECTORY "${tallyfold_main}/../shared")
      get_filename_component(tallyfold_shared "${tallyfold_main}/../shared" ABSOLUTE)
    endif()
  endif()
  set(TALLYFOLD_SHARED_DIR "${tallyfold_shared}")
endif()
