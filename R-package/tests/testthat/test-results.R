# What comes with a network: its run's summary, the kept coefficients, the
# igraph form, the progress display, and the command's edge tables read back.

test_that("a network carries its run's summary", {
  x <- example_matrix()
  net <- network(x, method = "spearman", order = 2, progress = FALSE)
  levels <- attr(net, "levels")
  expect_identical(levels$name, c("0.01", "0.001", "0.0001"))
  expect_identical(levels$edges, as.numeric(rev(cumsum(rev(table(net$level))))))
  expect_true(all(abs(net$r) > levels$threshold[as.integer(net$level)]))
  expect_true(all(net$p < levels$alpha[as.integer(net$level)]))
  expect_true(all(net$level[net$p < 1e-4] == "0.0001"))
})

test_that("coefficients() holds the kept coefficient of every pair, the edges' r among them", {
  x <- example_matrix()
  for (order in 0:3) {
    c <- coefficients(x, order = order, progress = FALSE)
    net <- network(x, order = order, progress = FALSE)
    expect_identical(dimnames(c), list(rownames(x), rownames(x)))
    expect_identical(c[cbind(net$source, net$target)], net$r)
    expect_identical(c, t(c))
    expect_true(all(diag(c) == 1))
    pairs <- abs(c[upper.tri(c)])
    expect_identical(sum(pairs > attr(net, "levels")$threshold[1]), nrow(net))
  }
  fit <- stats::lm(dist ~ speed, data = datasets::cars)
  expect_identical(coefficients(fit), stats::coefficients(fit))
})

test_that("as_igraph() has every gene used as a vertex and the edge columns as attributes", {
  skip_if_not_installed("igraph")
  x <- example_matrix()
  net <- network(x, order = 2, alpha = 1e-4, progress = FALSE)
  g <- as_igraph(net)
  expect_false(igraph::is_directed(g))
  expect_identical(igraph::V(g)$name, rownames(x))
  expect_lt(length(unique(c(net$source, net$target))), nrow(x))
  ends <- igraph::ends(g, igraph::E(g))
  expect_identical(ends[, 1], net$source)
  expect_identical(ends[, 2], net$target)
  expect_identical(igraph::E(g)$r, net$r)
  expect_identical(igraph::E(g)$q, net$q)
  expect_identical(igraph::E(g)$level, as.character(net$level))
  expect_identical(igraph::graph_attr(g, "order"), 2L)
})

test_that("progress shows a bar that ends full", {
  out <- capture.output(network(example_matrix(), order = 2, progress = TRUE))
  expect_match(paste(out, collapse = ""), "100%")
})

test_that("read_edges() reads quoted names, and the numbers exactly where R's own reader is one unit off", {
  path <- tempfile(fileext = ".tsv")
  on.exit(unlink(path))
  writeLines(c("source\ttarget\tr\tp\tq\tlevel",
               "a\tb\t4.189265448360874\t2.91e-11\t5.885352839196735e-301\t0.0001",
               "\"a\"\"b\"\tc\t-0.5\t0.002\t0.01\t0.01"), path)
  edges <- read_edges(path)
  expect_identical(edges$r, c(0x1.0c1cecd3be413p+2, -0.5))
  expect_identical(edges$p, c(0x1.ffeebfc8b81b5p-36, 0.002))
  expect_identical(edges$q[1], 0x1.9398e1fcf872dp-998)
  expect_identical(edges$source, c("a", "a\"b"))
  expect_identical(levels(edges$level), c("0.01", "0.0001"))
  writeLines(c("source\ttarget\tr\tp\tq\tlevel", "a\tb\t0.5\tx\t0.1\t0.01"), path)
  expect_error(read_edges(path), 'edge 1: expected a number for p, found "x"', fixed = TRUE)
})
