# network() gives, double for double, the edge table of the assocnet command.

test_that("network() gives the command's edges at every order, for both methods", {
  x <- shared_matrix()
  for (method in c("pearson", "spearman")) {
    for (order in 0:3) {
      m <- if (order == 3) x[1:150, ] else x
      net <- network(m, method = method, order = order, progress = FALSE)
      expected <- command_edges(m, c("-m", method, "-k", order))
      expect_gt(nrow(expected), 20)
      expect_identical(edge_columns(net), edge_columns(expected), label = paste(method, order))
    }
  }
})

test_that("network() gives the command's edges for false-discovery levels and other alpha", {
  x <- shared_matrix(400)
  expect_identical(edge_columns(network(x, fdr = c(0.05, 0.01), progress = FALSE)),
                   edge_columns(command_edges(x, c("--fdr", "0.05,0.01"))))
  expect_identical(edge_columns(network(x, method = "spearman", order = 0, fdr = 0.2,
                                        progress = FALSE)),
                   edge_columns(command_edges(x, c("-m", "spearman", "-k", 0, "--fdr", 0.2))))
  expect_identical(edge_columns(network(x, order = 2, alpha = c(0.001, 0.1), prune_alpha = 0.1,
                                        progress = FALSE)),
                   edge_columns(command_edges(x, c("-k", 2, "-a", "0.001,0.1",
                                                   "--prune-alpha", 0.1))))
})

test_that("1 and 2 threads give the same bits", {
  x <- factor_matrix(300)
  for (method in c("pearson", "spearman")) {
    one <- network(x, method = method, order = 2, threads = 1, progress = FALSE)
    two <- network(x, method = method, order = 2, threads = 2, progress = FALSE)
    expect_gt(nrow(one), 100)
    expect_identical(timeless(one), timeless(two))
    old <- options(assocnet.threads = 1)
    by_option <- network(x, method = method, order = 2, progress = FALSE)
    options(old)
    expect_identical(timeless(by_option), timeless(two))
  }
})
