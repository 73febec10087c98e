# The values of x as a double matrix and the names of its rows and columns,
# laid out as given (genes in rows, or samples with samples_in_rows). A double
# matrix is passed on as it is: the statistics read it in place.
expression_values <- function(x, samples_in_rows, assay_name) {
  if (methods::is(x, "ExpressionSet")) {
    needs("Biobase", "an ExpressionSet")
    x <- Biobase::exprs(x)
  } else if (methods::is(x, "SummarizedExperiment")) {
    needs("SummarizedExperiment", "a SummarizedExperiment")
    x <- SummarizedExperiment::assay(x, assay_name, withDimnames = TRUE)
  }
  if (is.data.frame(x) || is.character(x)) refuse_text(x, samples_in_rows)
  if (is.data.frame(x)) x <- as.matrix(x)
  if (!is.matrix(x)) x <- tryCatch(as.matrix(x), error = function(e) NULL)
  if (!is.matrix(x) || !(is.numeric(x) || is.logical(x)))
    stop("x must be a numeric matrix, a data.frame, an ExpressionSet or a SummarizedExperiment",
         call. = FALSE)
  if (storage.mode(x) != "double") storage.mode(x) <- "double"
  list(values = x, rows = names_or_none(rownames(x)), columns = names_or_none(colnames(x)))
}

names_or_none <- function(names) if (is.null(names)) character() else as.character(names)

needs <- function(package, what) {
  if (!requireNamespace(package, quietly = TRUE))
    stop(sprintf("reading %s needs the %s package", what, package), call. = FALSE)
}

# Stops at the first cell of x (a data.frame or a text matrix) that is not a
# number, naming it as the command does; or, when every text cell holds a
# number, at the first text column.
refuse_text <- function(x, samples_in_rows) {
  column <- function(k) if (is.data.frame(x)) x[[k]] else x[, k]
  text <- Filter(function(k) !is.numeric(column(k)) && !is.logical(column(k)), seq_len(NCOL(x)))
  columns <- if (is.data.frame(x)) names(x) else colnames(x)
  name <- function(k) if (length(columns)) columns[k] else as.character(k)
  for (k in text) {
    cells <- as.character(column(k))
    bad <- which(!is.na(cells) & is.na(suppressWarnings(as.numeric(cells))))
    if (!length(bad)) next
    row <- if (length(rownames(x))) rownames(x)[bad[1]] else as.character(bad[1])
    where <- if (samples_in_rows) sprintf('gene "%s" (column %d), sample "%s"', name(k), k, row)
             else sprintf('gene "%s", sample "%s" (column %d)', row, name(k), k)
    stop(sprintf('%s: expected a number, found "%s"', where, cells[bad[1]]), call. = FALSE)
  }
  if (length(text))
    stop(sprintf('column %d ("%s") holds numbers as text; convert it with as.numeric()', text[1],
                 name(text[1])), call. = FALSE)
}
