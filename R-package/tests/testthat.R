library(testthat)
library(assocnet)

test_check("assocnet")
