# Tables for the tests, and the assocnet command's edge table for one of them.
#
# ASSOCNET_COMMAND names the assocnet command and ASSOCNET_DATA the folder of
# the 1000-gene leukaemia table (leukemia-1000.txt); the tests that need one
# of them are skipped without it.

# The shipped example: 50 probe sets of the leukaemia study in 128 samples.
example_matrix <- function() {
  path <- system.file("extdata", "leukemia-50.txt", package = "assocnet")
  as.matrix(utils::read.delim(path, row.names = 1, check.names = FALSE))
}

# The first `genes` probe sets of the 1000-gene table.
shared_matrix <- function(genes = 1000) {
  path <- file.path(Sys.getenv("ASSOCNET_DATA"), "leukemia-1000.txt")
  if (!nzchar(Sys.getenv("ASSOCNET_DATA")) || !file.exists(path))
    skip("ASSOCNET_DATA does not name the folder of leukemia-1000.txt")
  as.matrix(utils::read.delim(path, row.names = 1, check.names = FALSE, nrows = genes))
}

# Genes driven by `factors` shared random factors plus noise: many pairs
# stay correlated given any one, two or three other genes, so the sweeps of
# every order have work to do.
factor_matrix <- function(genes, samples = 128, factors = 40, seed = 1) {
  set.seed(seed)
  x <- matrix(rnorm(genes * factors), genes) %*% matrix(rnorm(factors * samples), factors) +
    matrix(rnorm(genes * samples), genes)
  dimnames(x) <- list(sprintf("g%d", seq_len(genes)), sprintf("s%d", seq_len(samples)))
  x
}

# The edge table the command writes for x with the options args. The values
# go to it in seventeen digits, so that it reads R's doubles whatever R's own
# reader made of the table they came from.
command_edges <- function(x, args) {
  command <- Sys.getenv("ASSOCNET_COMMAND")
  if (!nzchar(command) || !file.exists(command))
    skip("ASSOCNET_COMMAND does not name the assocnet command")
  dir <- tempfile("assocnet-")
  dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE))
  table <- file.path(dir, "table.tsv")
  values <- matrix(sprintf("%.17g", x), nrow(x))
  writeLines(c(paste(c("probe", colnames(x)), collapse = "\t"),
               paste(rownames(x), apply(values, 1, paste, collapse = "\t"), sep = "\t")), table)
  status <- system2(command, c("-q", "-f", "edges", "-o", dir, "-p", "run", args, table))
  if (status != 0) stop("assocnet ", paste(args, collapse = " "), " ended with status ", status)
  read_edges(file.path(dir, "run_edges.tsv"))
}

# The columns of an edge table, without the run's attributes.
edge_columns <- function(net) {
  data.frame(source = net$source, target = net$target, r = net$r, p = net$p, q = net$q,
             level = as.character(net$level), stringsAsFactors = FALSE)
}

# A network without the time its run took.
timeless <- function(net) {
  attr(net, "seconds") <- NULL
  net
}
