# An interrupt stops a long order-3 run within about a second and leaves the
# session usable. The interrupt is a SIGINT from a background process, as a
# terminal's Ctrl-C sends it; R's handler takes it on the R thread, which
# cancels the run. (Esc in a graphical front-end sets the same pending
# interrupt without a signal; it is not exercised here.)

test_that("an interrupt cancels an order-3 run and the session goes on", {
  skip_on_os("windows")
  x <- factor_matrix(800)
  system2("sh", c("-c", shQuote(sprintf("sleep 1; kill -INT %d", Sys.getpid()))), wait = FALSE)
  started <- proc.time()[["elapsed"]]
  outcome <- tryCatch(network(x, order = 3, progress = FALSE), interrupt = function(e) "interrupted")
  took <- proc.time()[["elapsed"]] - started
  expect_identical(outcome, "interrupted")
  # The signal comes after about a second, and the uninterrupted run takes
  # half a minute of processor time; the margin is for a busy machine.
  expect_lt(took, 4)
  expect_gt(nrow(network(x[1:60, ], order = 3, progress = FALSE)), 0)
})
