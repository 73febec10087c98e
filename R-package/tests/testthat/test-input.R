# Every form of x gives the same network; bad input stops with the command's
# message and leaves the session as it was.

test_that("a matrix, its transpose, a data.frame, an ExpressionSet and a SummarizedExperiment give the same network", {
  x <- example_matrix()
  net <- timeless(network(x, order = 2, progress = FALSE))
  expect_gt(nrow(net), 20)
  expect_identical(attr(net, "genes"), rownames(x))
  expect_identical(attr(net, "samples"), colnames(x))
  expect_identical(timeless(network(t(x), order = 2, samples_in_rows = TRUE, progress = FALSE)), net)
  expect_identical(timeless(network(as.data.frame(x), order = 2, progress = FALSE)), net)
  expect_identical(timeless(network(as.data.frame(t(x)), order = 2, samples_in_rows = TRUE,
                                    progress = FALSE)), net)
  rounded <- round(x * 1000)
  storage.mode(rounded) <- "integer"
  expect_identical(timeless(network(rounded, order = 2, progress = FALSE)),
                   timeless(network(rounded / 1, order = 2, progress = FALSE)))

  skip_if_not_installed("Biobase")
  expect_identical(timeless(network(Biobase::ExpressionSet(assayData = x), order = 2,
                                    progress = FALSE)), net)
  skip_if_not_installed("SummarizedExperiment")
  # A constant assay would leave no gene to analyse.
  se <- SummarizedExperiment::SummarizedExperiment(assays = list(log2 = x, constant = x * 0))
  expect_identical(timeless(network(se, order = 2, progress = FALSE)), net)
  se <- SummarizedExperiment::SummarizedExperiment(assays = list(constant = x * 0, log2 = x))
  expect_identical(timeless(network(se, order = 2, assay_name = "log2", progress = FALSE)), net)
})

test_that("a missing value is refused, naming its gene and sample, or its gene or sample dropped", {
  x <- example_matrix()
  x[3, 5] <- NA
  x[7, 5] <- NaN
  expect_error(network(x, progress = FALSE),
               sprintf('2 missing values (not a number); the first is gene "%s", sample "%s"',
                       rownames(x)[3], colnames(x)[5]), fixed = TRUE)
  expect_error(network(as.data.frame(x), progress = FALSE), rownames(x)[3], fixed = TRUE)

  expect_warning(genes <- network(x, missing = "drop-genes", progress = FALSE),
                 "dropped 2 genes with missing values")
  expect_identical(attr(genes, "genes"), rownames(x)[-c(3, 7)])
  expect_identical(attr(genes, "dropped_genes"),
                   data.frame(name = rownames(x)[c(3, 7)], why = "missing values"))
  expect_warning(samples <- network(x, missing = "drop-samples", progress = FALSE),
                 "dropped 1 sample with missing values")
  expect_identical(attr(samples, "dropped_samples"), colnames(x)[5])
  expect_identical(edge_columns(samples), edge_columns(network(x[, -5], progress = FALSE)))
})

test_that("bad input stops with the command's message", {
  x <- example_matrix()
  expect_error(network(x[, 1:4], progress = FALSE),
               "4 samples are too few for order 1: it needs at least 5", fixed = TRUE)
  expect_error(network(x[, 1:6], order = 3, progress = FALSE),
               "6 samples are too few for order 3: it needs at least 7", fixed = TRUE)
  infinite <- x
  infinite[2, 9] <- Inf
  expect_error(network(infinite, progress = FALSE),
               sprintf('gene "%s", sample "%s": the value is infinite', rownames(x)[2],
                       colnames(x)[9]), fixed = TRUE)

  text <- as.data.frame(x)
  text[[4]] <- as.character(text[[4]])
  text[[4]][6] <- "1,5"
  expect_error(network(text, progress = FALSE),
               sprintf('gene "%s", sample "%s" (column 4): expected a number, found "1,5"',
                       rownames(x)[6], colnames(x)[4]), fixed = TRUE)
  expect_error(network(t(text), samples_in_rows = TRUE, progress = FALSE),
               "expected a number, found \"1,5\"", fixed = TRUE)
  text[[4]][6] <- "1.5"
  expect_error(network(text, progress = FALSE), "column 4 (\"04006\") holds numbers as text",
               fixed = TRUE)
  expect_error(network(list(1, 2), progress = FALSE), "x must be a numeric matrix")

  expect_error(network(x, alpha = 0.1, progress = FALSE), "looser than the pruning level")
  expect_error(network(x, alpha = 0.01, fdr = 0.05, progress = FALSE), "not both")
  expect_error(network(x, order = 4, progress = FALSE), "the order must be 0, 1, 2 or 3, not 4")
  # The session goes on.
  expect_gt(nrow(network(x, progress = FALSE)), 50)
})

test_that("repeated gene names are made unique and constant genes dropped, with a warning", {
  x <- example_matrix()
  rownames(x)[2:3] <- rownames(x)[1]
  x[10, ] <- 4
  warnings <- character()
  net <- withCallingHandlers(network(x, progress = FALSE), warning = function(w) {
    warnings <<- c(warnings, conditionMessage(w))
    invokeRestart("muffleWarning")
  })
  expect_match(warnings, "dropped 1 constant gene (variance 0): ", fixed = TRUE, all = FALSE)
  expect_match(warnings, "repeated gene names", all = FALSE)
  name <- rownames(x)[1]
  expect_identical(attr(net, "genes")[1:3], paste0(name, c("", ".1", ".2")))
  expect_identical(attr(net, "dropped_genes"), data.frame(name = rownames(x)[10], why = "constant"))
})

test_that("a run too large for the machine's memory is refused", {
  policy <- "/proc/sys/vm/overcommit_memory"
  skip_if(file.exists(policy) && identical(readLines(policy, warn = FALSE), "1"),
          "this machine grants any allocation")
  # 200,000 genes need a 320 GB matrix.
  x <- matrix(rnorm(200000 * 5), 200000)
  expect_error(network(x, order = 0, progress = FALSE), "not enough memory")
})
