// placeholder: the worker pool arrives with the column engine
